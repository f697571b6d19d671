BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'Invoke-DownloadsPermissions.ps1') -ComputerName 'only defining functions'
}

Describe 'Read-PublishedHash' {
    It 'reads <Case>' -ForEach @(
        @{ Case = 'the sha256sum form'; Text = ('ab' * 32) + '  tool.exe'; Hash = 'AB' * 32 }
        @{ Case = 'the binary marker'; Text = ('0F' * 32) + " *tool.exe`r`n"; Hash = '0F' * 32 }
        @{ Case = 'a leading blank line'; Text = "`n" + ('1' * 64) + '  tool.exe'; Hash = '1' * 64 }
    ) {
        Read-PublishedHash -Text $Text -FileName 'tool.exe' -SumFile 'tool.exe.sha256' | Should -Be $Hash
    }

    It 'refuses <Case>' -ForEach @(
        @{ Case = 'an empty file'; Text = ''; Message = '*is empty*' }
        @{ Case = 'only blank lines'; Text = "`r`n `n"; Message = '*is empty*' }
        @{ Case = 'another file'; Text = ('a' * 64) + '  other.exe'; Message = "*of 'other.exe', not of tool.exe*" }
        @{ Case = 'a short hash'; Text = ('a' * 63) + '  tool.exe'; Message = '*not a SHA-256*' }
        @{ Case = 'a hash that is not hexadecimal'; Text = ('g' * 64) + '  tool.exe'; Message = '*not a SHA-256*' }
    ) {
        { Read-PublishedHash -Text $Text -FileName 'tool.exe' -SumFile 'tool.exe.sha256' } | Should -Throw -ExpectedMessage $Message
    }
}

Describe 'Get-TaskResultMeaning' {
    It 'names <Result>' -ForEach @(
        @{ Result = 0; Meaning = 'the tool ended with status 0*' }
        @{ Result = 681; Meaning = 'refused: *tampering' }
        @{ Result = 32; Meaning = '*holds Downloads open*' }
        @{ Result = 267; Meaning = '*not a folder*' }
        @{ Result = 1336; Meaning = 'not repaired: Windows error 1336;*' }
        @{ Result = 0x41306; Meaning = 'not run: Task Scheduler 0x00041306 SCHED_S_TASK_TERMINATED*' }
        @{ Result = 0x41303; Meaning = '*SCHED_S_TASK_HAS_NOT_RUN*' }
        @{ Result = -2147024894; Meaning = 'not run: Task Scheduler could not start the program: HRESULT 0x80070002 (Windows error 2)' }
        @{ Result = 2147942405; Meaning = '*HRESULT 0x80070005 (Windows error 5)' }
        @{ Result = 2147750671; Meaning = '*0x8004130F SCHED_E_ACCOUNT_INFORMATION_NOT_SET*' }
        @{ Result = 2147500037; Meaning = 'not run: Task Scheduler HRESULT 0x80004005' }
    ) {
        Get-TaskResultMeaning $Result | Should -BeLike $Meaning
    }
}

Describe 'Invoke-RemoteRepair' {
    BeforeAll {
        $tool = [byte[]](1, 2, 3, 4)
        $toolHash = (Get-FileHash -InputStream ([IO.MemoryStream]::new($tool)) -Algorithm SHA256).Hash
        function Invoke-Repair {
            Invoke-RemoteRepair -Executable $tool -ExecutableName 'tool.exe' -Detection "'repaired'" `
                -DetectionName 'detect.ps1' -Audit "[pscustomobject]@{ Why = 'a finding' }" -ExpectedHash $toolHash -TimeoutSeconds 10
        }
    }

    BeforeEach {
        $stage = Join-Path $TestDrive ([guid]::NewGuid().ToString('N'))
        New-Item -ItemType Directory -Path $stage | Out-Null
        Mock New-StagingFolder { $stage }
        Mock New-ScheduledTaskAction { 'action' }
        Mock New-ScheduledTaskPrincipal { 'principal' }
        Mock New-ScheduledTaskSettingsSet { 'settings' }
        Mock Register-ScheduledTask { return }
        Mock Start-ScheduledTask { return }
        Mock Stop-ScheduledTask { return }
        Mock Unregister-ScheduledTask { return }
        Mock Start-Sleep { return }
        Mock Get-ScheduledTask { [pscustomobject]@{ State = 'Ready' } }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 0 } }
        # What the detection task wrote: its one line when repaired.
        Mock Get-Content { 'Downloads access list repaired' } -ParameterFilter { $LiteralPath -like '*detection.txt' }
    }

    It 'records the status, then what detection found as SYSTEM, and removes the tasks and the folder' {
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 681 } } -ParameterFilter { $TaskName -notlike '*-detect' }
        $outcome = Invoke-Repair
        $outcome.ExitStatus | Should -Be 681
        $outcome.Repaired | Should -BeTrue
        $outcome.Findings.Why | Should -Be 'a finding'
        $outcome.Detail | Should -BeNullOrEmpty
        Should -Invoke New-ScheduledTaskPrincipal -Times 2 -Exactly -ParameterFilter { $UserId -eq 'S-1-5-18' }
        Should -Invoke New-ScheduledTaskAction -Times 1 -Exactly -ParameterFilter {
            $Execute -like '*powershell.exe' -and $Argument -like "*detect.ps1*detection.txt*" }
        Should -Invoke Unregister-ScheduledTask -Times 2 -Exactly
        Test-Path -LiteralPath $stage | Should -BeFalse
    }

    It 'never stops a tool that is still running: says so and leaves its task and folder' {
        Mock Get-ScheduledTask { [pscustomobject]@{ State = 'Running' } }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 0x41301 } }
        $outcome = Invoke-Repair
        $outcome.StillRunning | Should -BeTrue
        $outcome.ExitStatus | Should -BeNullOrEmpty
        $outcome.Detail | Should -BeLike 'still running after 10 seconds, result not known; Downloads may stay closed until it ends*'
        Should -Invoke Stop-ScheduledTask -Times 0
        Should -Invoke Unregister-ScheduledTask -Times 0
        Test-Path -LiteralPath (Join-Path $stage 'tool.exe') | Should -BeTrue
    }

    It 'keeps the status when <Case>' -ForEach @(
        @{ Case = 'detection cannot start'; Fails = 'Register'; Detail = 'detection failed: no task service' }
        @{ Case = 'detection ends with an error'; Fails = 'Result'; Detail = 'detection failed: PowerShell ended with 1' }
        @{ Case = 'a task cannot be removed'; Fails = 'Unregister'; Detail = '*was left: access denied*' }
    ) {
        switch ($Fails) {
            'Register' { Mock Register-ScheduledTask { throw 'no task service' } -ParameterFilter { $TaskName -like '*-detect' } }
            'Result' { Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 1 } } -ParameterFilter { $TaskName -like '*-detect' } }
            'Unregister' { Mock Unregister-ScheduledTask { throw 'access denied' } }
        }
        Mock Get-ScheduledTaskInfo { [pscustomobject]@{ LastTaskResult = 32 } } -ParameterFilter { $TaskName -notlike '*-detect' }
        $outcome = Invoke-Repair
        $outcome.ExitStatus | Should -Be 32
        $outcome.Detail | Should -BeLike $Detail
        Test-Path -LiteralPath $stage | Should -BeFalse
    }

    It 'runs nothing when the staged copy is not the published one' {
        $outcome = Invoke-RemoteRepair -Executable $tool -ExecutableName 'tool.exe' -Detection '' -DetectionName 'detect.ps1' `
            -Audit '' -ExpectedHash ('0' * 64) -TimeoutSeconds 10
        $outcome.ExitStatus | Should -BeNullOrEmpty
        $outcome.Detail | Should -BeLike "the staged copy's SHA-256 is*nothing was run"
        Should -Invoke Register-ScheduledTask -Times 0
        Test-Path -LiteralPath $stage | Should -BeFalse
    }
}

Describe 'Invoke-Fleet' {
    BeforeAll {
        $exe = Join-Path $TestDrive 'tool.exe'
        [IO.File]::WriteAllBytes($exe, [byte[]](7, 7, 7))
        $detection = Join-Path $TestDrive 'detect.ps1'
        Set-Content -LiteralPath $detection -Value "'repaired'"
        $audit = Join-Path $TestDrive 'audit.ps1'
        Set-Content -LiteralPath $audit -Value "'finding'"
        $hash = (Get-FileHash -LiteralPath $exe -Algorithm SHA256).Hash
        # A fleet: most machines repair, some are unreachable, some fail, one
        # is slow, one drops its session, one refuses (681).
        $fleet = @(1..40 | ForEach-Object { "pc$_" }) + 'down1', 'down2', 'fail1', 'slow1', 'drop1', 'link1'
        function Invoke-FleetRun {
            Invoke-Fleet -ComputerName $fleet -Path $exe -ExpectedHash $hash -TimeoutSeconds 60 -OpenTimeoutSeconds 5 `
                -ThrottleLimit 32 -Detection $detection -Audit $audit
        }
    }

    BeforeEach {
        Mock New-PSSessionOption { [pscustomobject]@{ OpenTimeout = $OpenTimeout } }
        Mock New-PSSession {
            foreach ($name in $ComputerName) {
                if ($name -like 'down*') {
                    Write-Error -Message "Connecting to remote server $name failed: WinRM cannot complete the operation" -TargetObject $name
                } else {
                    [pscustomobject]@{ ComputerName = $name }
                }
            }
        }
        Mock Invoke-Command {
            foreach ($session in $Session) {
                $outcome = switch -Wildcard ($session.ComputerName) {
                    'fail*' { @{ ExitStatus = $null; StillRunning = $false; Repaired = $null; Detail = 'icacls could not restrict the folder' } }
                    'slow*' { @{ ExitStatus = $null; StillRunning = $true; Repaired = $null; Detail = 'still running after 60 seconds, result not known; Downloads may stay closed until it ends' } }
                    'link*' { @{ ExitStatus = 681; StillRunning = $false; Repaired = $false; Findings = @([pscustomobject]@{ Why = 'a junction' }); Detail = '' } }
                    'drop*' { Write-Error -Message "The session to $($session.ComputerName) was broken" -TargetObject $session; continue }
                    default { @{ ExitStatus = 0; StillRunning = $false; Repaired = $true; Findings = @(); Detail = '' } }
                }
                if ($outcome) {
                    [pscustomobject]$outcome | Add-Member -NotePropertyName PSComputerName -NotePropertyValue $session.ComputerName -PassThru
                }
            }
        } -RemoveParameterType Session
        # Sessions here are plain objects that stand for PSSessions.
        Mock Remove-PSSession { return } -RemoveParameterType Session
    }

    It 'gives every machine exactly one result, and a failure only its own' {
        $results = @(Invoke-FleetRun)
        $results | Should -HaveCount $fleet.Count
        @($results.ComputerName | Sort-Object -Unique) | Should -HaveCount $fleet.Count
        $by = @{}
        $results | ForEach-Object { $by[$_.ComputerName] = $_ }
        foreach ($pc in 1..40 | ForEach-Object { "pc$_" }) {
            $by[$pc].ExitStatus | Should -Be 0
            $by[$pc].Repaired | Should -BeTrue
        }
        $by['down1'].Meaning | Should -BeLike 'not run: could not connect: Connecting to remote server down1 failed*'
        $by['down2'].ExitStatus | Should -BeNullOrEmpty
        $by['fail1'].Meaning | Should -Be 'not run: icacls could not restrict the folder'
        $by['slow1'].Meaning | Should -BeLike 'still running*Downloads may stay closed until it ends'
        $by['slow1'].ExitStatus | Should -BeNullOrEmpty
        $by['drop1'].Meaning | Should -BeLike 'result not known: the session ended before the computer answered: The session to drop1 was broken*'
        $by['link1'].ExitStatus | Should -Be 681
        $by['link1'].Repaired | Should -BeFalse
        $by['link1'].Exposure | Should -Be '1 exposure finding(s)'
        $by['link1'].Findings.Why | Should -Be 'a junction'
        $by['pc7'].Exposure | Should -Be 'no exposure found'
        $by['fail1'].Exposure | Should -Be 'not audited'
    }

    It 'opens all sessions in one call with the short timeout, and hands out the work in one parallel call' {
        Invoke-FleetRun | Out-Null
        Should -Invoke New-PSSession -Times 1 -Exactly -ParameterFilter { $ComputerName.Count -eq $fleet.Count -and $ThrottleLimit -eq 32 }
        Should -Invoke New-PSSessionOption -Times 1 -Exactly -ParameterFilter { $OpenTimeout -eq 5000 }
        Should -Invoke Invoke-Command -Times 1 -Exactly -ParameterFilter {
            $Session.Count -eq $fleet.Count - 2 -and $ThrottleLimit -eq 32 -and $ArgumentList[0].Length -eq 3 -and
            $ArgumentList[4] -eq "'finding'`n" -and $ArgumentList[5] -eq $hash
        }
    }

    It 'streams each result as it arrives' {
        $seen = [System.Collections.Generic.List[string]]::new()
        Mock Invoke-Command {
            foreach ($session in $Session) {
                $seen.Add("sent $($session.ComputerName)")
                [pscustomobject]@{ ExitStatus = 0; StillRunning = $false; Repaired = $true; Findings = @(); Detail = ''; PSComputerName = $session.ComputerName }
            }
        } -RemoveParameterType Session
        Invoke-FleetRun | ForEach-Object { $seen.Add("got $($_.ComputerName)") }
        $seen.IndexOf('got pc1') | Should -BeLessThan $seen.IndexOf('sent pc2')
    }

    It 'finishes even when a session cannot be closed' {
        Mock Remove-PSSession { throw 'the session is gone' } -ParameterFilter { $Session.ComputerName -eq 'pc3' } -RemoveParameterType Session
        @(Invoke-FleetRun 3>$null) | Should -HaveCount $fleet.Count
    }

    It 'runs nothing when the executable is not the published one' {
        { Invoke-Fleet -ComputerName pc1 -Path $exe -ExpectedHash ('0' * 64) -TimeoutSeconds 60 -OpenTimeoutSeconds 5 `
                -ThrottleLimit 32 -Detection $detection -Audit $audit } | Should -Throw -ExpectedMessage '*nothing was run*'
        Should -Invoke New-PSSession -Times 0
    }
}
