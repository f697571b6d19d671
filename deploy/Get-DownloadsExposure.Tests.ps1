BeforeDiscovery {
    # The finding the tables name most: the stock baseline on Downloads.
    $Baseline = 'Baseline Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)'
}

BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'testing/Layouts.ps1')
    . (Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')

    $vendor = 'C:\ProgramData\Morvane Security'
    $agent = "$vendor\Morvane Devices Agent"
    $downloads = "$agent\Downloads"
    $user = $Sids.User

    # A machine: the facts of each path, and what each folder holds. By
    # default the stock layout after a repair, with nothing inside Downloads;
    # -Clean: an agent folder that blocks inheritance, so that nothing else
    # is exposed. -ProgramFiles: the list the tool copied. -TrustedSid: as the
    # audit's parameter.
    $machine = @{ Facts = @{}; Children = @{}; Key = 'full access'; Unlistable = @() }
    function Set-Machine([hashtable]$Facts = @{}, [hashtable]$Children = @{}, [string]$Key = 'full access', [switch]$Clean,
        $ProgramFiles = $ProgramFilesList, [string[]]$Unlistable = @(), [string[]]$TrustedSid = @()) {
        $inherited = if ($Clean) { @() } else { $ProgramDataInherited }
        $machine.ProgramFiles = $ProgramFiles
        $machine.Facts = @{
            'C:\ProgramData'         = New-Folder 'C:\ProgramData' -Entries $ProgramDataList
            'C:\Program Files (x86)' = New-Folder 'C:\Program Files (x86)' -Entries $ProgramFiles
            $vendor    = New-Folder $vendor -Entries $ProgramDataInherited
            $agent     = New-Folder $agent -Entries ($(if ($Clean) { $ProgramFiles } else { $ProgramDataInherited }))
            $downloads = New-Folder $downloads -Entries ($ProgramFiles + $inherited)
        }
        foreach ($path in $Facts.Keys) { $machine.Facts[$path] = $Facts[$path] }
        $machine.Children = $Children
        $machine.Key = $Key
        $machine.Unlistable = $Unlistable
        $machine.TrustedSid = $TrustedSid
    }
    function Get-Findings([int]$MaxItems = 100) {
        Mock Get-AppDataFolder { 'C:\ProgramData' }
        Mock Get-ProgramFilesFolder { 'C:\Program Files (x86)' }
        Mock Get-AgentKeyAccess { $machine.Key }
        Mock Resolve-Account { $null }
        # Opened by name as Windows opens it: a trailing dot or space dropped.
        Mock Get-ItemFacts {
            $opened = ($Path -split '\\' | ForEach-Object { $_.TrimEnd('. ') }) -join '\'
            if ($machine.Facts.ContainsKey($opened)) { $machine.Facts[$opened] } else { New-Folder $Path -IsFolder $false }
        }
        Mock Get-ChildPath {
            if ($machine.Unlistable -contains $Path) { throw 'Access is denied' }
            foreach ($child in @(if ($machine.Children.ContainsKey($Path)) { $machine.Children[$Path] })) {
                $facts = $machine.Facts[$child]
                [pscustomobject]@{ Path = $child; IsReparsePoint = [bool]($facts -and $facts.IsReparsePoint) }
            }
        }
        @(Get-Exposure -MaxItems $MaxItems -MaxSeconds 60 -TrustedSid $machine.TrustedSid)
    }
    # A finding in one line: its kind, its path below ProgramData, the SID
    # and the rights.
    function Format-Finding($Finding) {
        '{0} {1} {2} {3}' -f $Finding.Kind, $Finding.Path.Replace('C:\ProgramData\', ''), $Finding.Sid, $Finding.Allows
    }
    # A child inside Downloads as Windows makes it: what it inherits from
    # Downloads' list for its owner, after its own explicit entries.
    function New-Child([string]$Name, [string]$Owner = $Sids.System, [bool]$IsFolder = $true, $Explicit = @()) {
        $parent = $machine.Facts[$downloads].Entries
        New-Folder "$downloads\$Name" -Owner $Owner -IsFolder $IsFolder -IsFile:(-not $IsFolder) -Entries (@($Explicit) + @(Get-InheritedEntries $parent $IsFolder $Owner))
    }

    # What each remedy does, applied to the machine's facts: the icacls
    # commands it names (/setowner, /reset, /inheritance:r and :d,
    # /remove:g), running the tool, and removing a link or a name. Windows'
    # walk (after a reset or a change of inheritance) enters every folder;
    # the tool's leaves a protected list, and what lies below it, as they are.
    function Update-Subtree([string]$Path, [switch]$Tool) {
        $queue = [System.Collections.Queue]::new()
        $queue.Enqueue($Path)
        while ($queue.Count) {
            $folder = $queue.Dequeue()
            foreach ($child in @(if ($machine.Children.ContainsKey($folder)) { $machine.Children[$folder] })) {
                $facts = $machine.Facts[$child]
                if (-not $facts -or $facts.IsReparsePoint -or ($Tool -and ($facts.Protected -or $facts.IsHardLinked))) { continue }
                $explicit = @($facts.Entries | Where-Object { -not $_.Inherited })
                $inherited = if ($facts.Protected) { @() } else { @(Get-InheritedEntries $machine.Facts[$folder].Entries $facts.IsFolder $facts.Owner) }
                $facts.Entries = @($explicit) + $inherited
                $queue.Enqueue($child)
            }
        }
    }
    function Invoke-Remedy([string]$Remedy) {
        foreach ($creation in [regex]::Matches($Remedy, "New-Item -ItemType Directory -Path '((?:[^']|'')*)'")) {
            $path = $creation.Groups[1].Value.Replace("''", "'")
            $parent = $path.Substring(0, $path.LastIndexOf('\'))
            $machine.Facts[$path] = New-Folder $path -Owner $Sids.Administrators -Entries @(Get-InheritedEntries $machine.Facts[$parent].Entries $true $Sids.Administrators)
            $machine.Children[$parent] = @(@($machine.Children[$parent]) + $path | Where-Object { $_ })
        }
        foreach ($removal in [regex]::Matches($Remedy, "(?:Get-Item|Remove-Item) -LiteralPath '((?:[^']|'')*)'")) {
            $path = $removal.Groups[1].Value.Replace("''", "'")
            $machine.Facts.Remove($path)
            foreach ($folder in @($machine.Children.Keys)) { $machine.Children[$folder] = @($machine.Children[$folder] | Where-Object { $_ -ne $path }) }
        }
        foreach ($command in [regex]::Matches($Remedy, "icacls '((?:[^']|'')*)' (/[a-z:]+)(?: '\*([^']+)')?")) {
            $path = $command.Groups[1].Value.Replace("''", "'")
            $item = $machine.Facts[$path]
            switch ($command.Groups[2].Value) {
                '/setowner' { $item.Owner = $command.Groups[3].Value }
                '/reset' {
                    $item.Protected = $false
                    $item.Entries = @(Get-InheritedEntries $machine.Facts[$path.Substring(0, $path.LastIndexOf('\'))].Entries $item.IsFolder $item.Owner)
                    Update-Subtree $path
                }
                '/inheritance:r' { $item.Entries = @($item.Entries | Where-Object { -not $_.Inherited }); $item.Protected = $true; Update-Subtree $path }
                '/inheritance:d' { $item.Entries = @($item.Entries | ForEach-Object { $_.PSObject.Copy() } | ForEach-Object { $_.Inherited = $false; $_ }); $item.Protected = $true }
                '/remove:g' { $item.Entries = @($item.Entries | Where-Object { $_.Inherited -or $_.Type -ne 'Allow' -or $_.Sid -ne $command.Groups[3].Value }) }
                default { throw "no model for icacls $($command.Groups[2].Value)" }
            }
        }
        # The tool's writes: the program-files folder's entries, then
        # what the agent folder passes on unless Downloads' list is
        # protected; inherited ones worked out anew down the tree.
        if ($Remedy -match '(^|then )[Rr]un the tool') {
            $facts = $machine.Facts[$downloads]
            $inherited = if ($facts.Protected) { @() } else { @(Get-InheritedEntries $machine.Facts[$agent].Entries $true $facts.Owner) }
            $facts.Entries = @($machine.ProgramFiles) + $inherited
            Update-Subtree $downloads -Tool
        }
    }
}

Describe 'The access check' {
    It 'gives a standard user <Rights> where <Case>' -ForEach @(
        @{ Case = 'the program-files list as Windows 10 and 11 ship it'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesList }; Rights = '' }
        @{ Case = 'the program-files list of earlier builds'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesListEarly }; Rights = '' }
        @{ Case = 'that list below a stock ProgramData'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesList + $ProgramDataInherited }
            Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction)' }
        @{ Case = 'a deny ahead of the inherited allow'; Owner = 'S-1-5-18'; Rights = ''
            Entries = { @(New-Entry $Sids.Users 0x116 -Type Deny) + $ProgramFilesList + $ProgramDataInherited } }
        @{ Case = 'an allow ahead of a deny for the same rights'; Owner = 'S-1-5-18'; Rights = 'write (create files)'
            Entries = { @((New-Entry $Sids.Users 0x2), (New-Entry $Sids.Users 0x2 -Type Deny)) } }
        @{ Case = 'Everyone is denied, Users allowed'; Owner = 'S-1-5-18'; Rights = ''
            Entries = { @((New-Entry $Sids.Everyone 0x10000 -Type Deny), (New-Entry $Sids.Users 0x10000)) } }
        @{ Case = 'a generic write'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Users 0x40000000) }
            Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction)' }
        @{ Case = 'a generic all'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Everyone $GenericAll) }
            Rights = 'write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership' }
        @{ Case = 'an inherit-only grant'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Users $FullControl -Propagation 2) }; Rights = '' }
        @{ Case = 'the grant goes to CREATOR OWNER itself'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.CreatorOwner $FullControl) }; Rights = '' }
        @{ Case = 'Users own it'; Owner = 'S-1-5-32-545'; Entries = { $ProgramFilesList }; Rights = 'change permissions' }
        @{ Case = 'Users own it, and OWNER RIGHTS may only read'; Owner = 'S-1-5-32-545'; Rights = ''
            Entries = { @(New-Entry $Sids.OwnerRights $ReadExecute) + $ProgramFilesList } }
        @{ Case = 'Users own it, and OWNER RIGHTS may modify it'; Owner = 'S-1-5-32-545'; Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction), delete'
            Entries = { @(New-Entry $Sids.OwnerRights $Modify) } }
        @{ Case = 'Users own it, and an inherit-only OWNER RIGHTS entry is there'; Owner = 'S-1-5-32-545'; Rights = 'change permissions'
            Entries = { @(New-Entry $Sids.OwnerRights $ReadExecute -Propagation 2) + $ProgramFilesList } }
        @{ Case = 'Users own it, and a deny of changing permissions comes too late for the owner'; Owner = 'S-1-5-32-545'; Rights = 'change permissions'
            Entries = { @(New-Entry $Sids.Users 0x40000 -Type Deny) } }
        @{ Case = 'INTERACTIVE is denied: a user who logs on as a batch job or a service is not'; Owner = 'S-1-5-18'; Rights = 'write (create files), append (create folders), delete'
            Entries = { @((New-Entry 'S-1-5-4' 0x10006 -Type Deny), (New-Entry $Sids.Users 0x10006)) } }
        @{ Case = 'a conditional deny, which may not apply'; Owner = 'S-1-5-18'; Rights = 'delete'
            Entries = { @((New-Entry $Sids.Users 0x10000 -Type ConditionalDeny), (New-Entry $Sids.Users 0x10000)) } }
    ) {
        Get-StandardUserRights $Owner (& $Entries) $true | Should -Be $Rights
    }

    It 'reads <Case> from a list as Windows holds it' -ForEach @(
        @{ Case = 'an allow'; Ace = @{ Qualifier = 'AccessAllowed'; Callback = $false; Flags = 0x13 }; Entry = 'Allow False True 3 0' }
        @{ Case = 'a conditional allow, as a grant'; Ace = @{ Qualifier = 'AccessAllowed'; Callback = $true; Flags = 0x0A }; Entry = 'Allow True False 2 2' }
        @{ Case = 'a deny, no-propagate'; Ace = @{ Qualifier = 'AccessDenied'; Callback = $false; Flags = 0x06 }; Entry = 'Deny False False 2 1' }
        @{ Case = 'a conditional deny, as nothing denied'; Ace = @{ Qualifier = 'AccessDenied'; Callback = $true; Flags = 0 }; Entry = 'ConditionalDeny True False 0 0' }
    ) {
        $read = ConvertFrom-RawAce ([pscustomobject]($Ace + @{ Sid = 'S-1-5-32-545'; Mask = [long]0x1F01FF }))
        '{0} {1} {2} {3} {4}' -f $read.Type, $read.Conditional, $read.Inherited, $read.Inheritance, $read.Propagation | Should -Be $Entry
    }

    It 'refuses an entry of a kind it cannot judge, so that the item is reported as not seen' {
        { ConvertFrom-RawAce ([pscustomobject]@{ Qualifier = 'Custom'; Callback = $false; Sid = $null; Mask = [long]0; Flags = 0 }) } |
            Should -Throw -ExpectedMessage '*cannot judge*'
    }

    # Each entry a new child gets: SID, rights, inheritance/propagation.
    It 'passes <Case>' -ForEach @(
        @{ Case = 'CREATOR OWNER to a folder as its owner, mapped, with an inherit-only copy for what lies below'; Entry = { New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2 }
            IsFolder = $true; Got = "S-1-5-21-1-2-3-1001 0x1F01FF 0/0", 'S-1-3-0 0x10000000 3/2' }
        @{ Case = 'CREATOR OWNER to a file as its owner, mapped'; Entry = { New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2 }
            IsFolder = $false; Got = "S-1-5-21-1-2-3-1001 0x1F01FF 0/0" }
        @{ Case = 'a no-propagate entry to the first level only'; Entry = { New-Entry $Sids.Users $FullControl -Propagation 1 }
            IsFolder = $true; Got = 'S-1-5-32-545 0x1F01FF 0/0' }
        @{ Case = 'an object-inherit entry to files, and to folders only as inherit-only, for the files inside them'; Entry = { New-Entry $Sids.Users $FullControl -Inheritance 1 }
            IsFolder = $true; Got = 'S-1-5-32-545 0x1F01FF 1/2' }
        @{ Case = 'a container-inherit entry to folders, not to files'; Entry = { New-Entry $Sids.Users $FullControl -Inheritance 2 }
            IsFolder = $false; Got = @() }
    ) {
        @(Get-InheritedEntries @(& $Entry) $IsFolder $Sids.User | ForEach-Object { '{0} 0x{1:X} {2}/{3}' -f $_.Sid, $_.Rights, $_.Inheritance, $_.Propagation }) |
            Should -Be $Got
    }
}

Describe 'The exposure audit' {
    It 'finds <Found> where <Case>' -ForEach @(
        @{ Case = 'the agent folder blocks inheritance and Downloads carries the list'; Clean = $true; Found = @() }
        @{ Case = 'the list of earlier builds was copied'; Clean = $true; ProgramFiles = { $ProgramFilesListEarly }; Found = @() }
        @{ Case = 'Downloads inherits from a stock ProgramData: the stock baseline'; Clean = $false; Found = @($Baseline) }
        @{ Case = 'the agent folder adds the same grant for Users itself: not the baseline'; Clean = $false
            Facts = { $mine = @(New-Entry $Sids.Users 0x116 -Inheritance 2) + $ProgramDataInherited
                @{ $agent = New-Folder $agent -Entries $mine; $downloads = New-Folder $downloads -Entries ($ProgramFilesList + @(Get-InheritedEntries $mine $true $Sids.System)) } }
            Found = @($Baseline.Replace('Baseline', 'Access')) }
        @{ Case = 'a user owns Downloads: once the tool has written, the copied CREATOR OWNER entry reaches it through the agent folder'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries $ProgramFilesList } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions"
                "AfterRepair Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, take ownership") }
        @{ Case = 'a user owns a protected Downloads: the tool keeps it protected, so it inherits nothing'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries $ProgramFilesList -Protected } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions") }
        @{ Case = 'a user made Downloads below a stock ProgramData before the agent did'; Clean = $false
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries ($ProgramFilesList + @(Get-InheritedEntries $ProgramDataInherited $true $user)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions"
                "Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, take ownership"
                $Baseline) }
        @{ Case = 'an OWNER RIGHTS entry holds the owner back until the tool replaces it'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries (@(New-Entry $Sids.OwnerRights $ReadExecute) + $ProgramFilesList) } }
            Found = @("AfterRepair Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions"
                "AfterRepair Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, take ownership") }
        @{ Case = 'a deny ahead of an allow, until the tool replaces it'; Clean = $false; Found = @($Baseline)
            Facts = { @{ $downloads = New-Folder $downloads -Entries (@(New-Entry $Sids.Users 0x116 -Type Deny) + $ProgramFilesList + $ProgramDataInherited) } } }
        @{ Case = 'a deny entry alone'; Clean = $true; Found = @()
            Facts = { @{ $downloads = New-Folder $downloads -Entries (@(New-Entry $Sids.Everyone $GenericAll -Type Deny) + $ProgramFilesList) } } }
        @{ Case = 'a generic write for Users'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x40000000)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'an inherit-only grant on Downloads'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x40000000 $true -Propagation 2)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'a user''s generic all on the folder above Downloads'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user $GenericAll)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent S-1-5-21-1-2-3-1001 delete children, delete, change permissions, take ownership"
                "AfterRepair Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership") }
        @{ Case = 'delete children on the folder above Downloads'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user 0x40)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent S-1-5-21-1-2-3-1001 delete children"
                "AfterRepair Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 delete children") }
        @{ Case = 'a user owns the vendor folder'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -Owner $user -Entries $ProgramFilesList } }
            Found = @("Access Morvane Security S-1-5-21-1-2-3-1001 change permissions") }
        @{ Case = 'a junction on the way'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -IsReparsePoint $true } }
            Found = @('Link Morvane Security  ') }
        @{ Case = 'a user owns a folder inside, with its mapped CREATOR OWNER entry'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Owner $user } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership") }
        @{ Case = 'Downloads passes no CREATOR OWNER entry today, but the copied list will'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine.txt") } }
            Facts = { $tight = @((New-Entry $Sids.System $FullControl), (New-Entry $Sids.Users $ReadExecute))
                @{ $downloads = New-Folder $downloads -Entries $tight -Protected
                    "$downloads\mine.txt" = New-Folder "$downloads\mine.txt" -Owner $user -IsFolder $false -IsFile -Entries @(Get-InheritedEntries $tight $false $user) } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads\mine.txt S-1-5-21-1-2-3-1001 write, append, delete, change permissions, take ownership") }
        @{ Case = 'the agent writes as NETWORK SERVICE, trusted with -TrustedSid'; Clean = $true; Children = { @{ $downloads = @("$downloads\log.txt") } }
            TrustedSid = @('S-1-5-20'); Facts = { @{ "$downloads\log.txt" = New-Child 'log.txt' -Owner $Sids.NetworkService -IsFolder $false } }; Found = @() }
        @{ Case = 'Users are denied deleting Downloads, but Everyone may: a guest may'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x10000 -Inheritance 0 -Type Deny) + (New-Entry $Sids.Everyone 0x10000 -Inheritance 0)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-1-0 delete') }
        @{ Case = 'CREATOR OWNER and CREATOR GROUP entries that apply to Downloads itself grant no one'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.CreatorOwner $FullControl -Inheritance 0) + (New-Entry $Sids.CreatorGroup $FullControl -Inheritance 0)) } }
            Found = @() }
        @{ Case = 'a user''s file keeps its mapped entry after an owner change'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine.txt") } }
            Facts = { @{ "$downloads\mine.txt" = (New-Child 'mine.txt' -Owner $user -IsFolder $false) | ForEach-Object { $_.Owner = $Sids.Administrators; $_ } } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads\mine.txt S-1-5-21-1-2-3-1001 write, append, delete, change permissions, take ownership") }
        @{ Case = 'an explicit grant inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Explicit (New-Entry $Sids.Everyone 0x10000) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-1-0 delete') }
        @{ Case = 'an inherit-only grant on a folder inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Explicit (New-Entry $Sids.Users $FullControl -Propagation 2) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-32-545 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership') }
        @{ Case = 'a folder inside inherits the stock create right (reported on Downloads alone)'; Clean = $false; Children = { @{ $downloads = @("$downloads\sub") } }
            Facts = { @{ "$downloads\sub" = New-Child 'sub' } }; Found = @($Baseline) }
        @{ Case = 'a junction inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsReparsePoint $true } }
            Found = @('Link Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a link inside whose target cannot be read'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsReparsePoint $true -ErrorText 'access denied' } }
            Found = @('Link Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a file with two names'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsFolder $false -IsHardLinked $true } }
            Found = @('HardLink Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-18 ') }
        @{ Case = 'an item it cannot read'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -ErrorText 'access denied' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'an item listed that cannot be opened by its name'; Clean = $true; Children = { @{ $downloads = @("$downloads\trailing.") } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\trailing.  ') }
        @{ Case = 'a folder inside that cannot be listed'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }; Unlistable = @('C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine')
            Facts = { @{ "$downloads\mine" = New-Child 'mine' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a deny on Downloads itself holds back a grant it passes on'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0xD0046 $true -Inheritance 0 -Type Deny) + (New-Entry $Sids.Users 0xD0046 $true)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), delete children, delete, change permissions, take ownership') }
        @{ Case = 'INTERACTIVE is denied what Users are allowed'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry 'S-1-5-4' $Modify $true -Type Deny) + (New-Entry $Sids.Users $Modify $true)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction), delete') }
        @{ Case = 'Users may write the attributes of Downloads'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x100 -Inheritance 0)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write attributes (an empty folder can be made a junction)') }
        @{ Case = 'the program-files folder''s own list lets Users delete'; Clean = $true
            ProgramFiles = { $ProgramFilesList + (New-Entry $Sids.Users 0x10000 -Inheritance 0) }
            Found = @('Access Morvane Security\Morvane Devices Agent S-1-5-32-545 delete', 'Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 delete') }
        @{ Case = 'the agent folder is missing and a user owns the vendor folder'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -Owner $user -Entries $ProgramFilesList; $agent = New-Folder $agent -IsFolder $false; $downloads = New-Folder $downloads -IsFolder $false } }
            Found = @('Access Morvane Security S-1-5-21-1-2-3-1001 change permissions') }
        @{ Case = 'Downloads is missing below a stock ProgramData: Users may make it first'; Clean = $false
            Facts = { @{ $downloads = New-Folder $downloads -IsFolder $false } }
            Found = @('Access Morvane Security\Morvane Devices Agent S-1-5-32-545 append (create folders)') }
        @{ Case = 'a name with a trailing dot beside a clean item of the same name'; Clean = $true; Children = { @{ $downloads = @("$downloads\foo", "$downloads\foo.") } }
            Facts = { @{ "$downloads\foo" = New-Child 'foo' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\foo.  ') }
    ) {
        $row = $_
        $program = if ($row['ProgramFiles']) { & $row.ProgramFiles } else { $ProgramFilesList }
        Set-Machine -Clean:$Clean -ProgramFiles $program -TrustedSid @($row['TrustedSid'] | Where-Object { $_ })
        $more = if ($row['Facts']) { & $row.Facts } else { @{} }
        foreach ($path in $more.Keys) { $machine.Facts[$path] = $more[$path] }
        if ($row['Children']) { $machine.Children = & $row.Children }
        $machine.Unlistable = @($row['Unlistable'])
        $findings = @(Get-Findings)
        @($findings | ForEach-Object { Format-Finding $_ } | Sort-Object) | Should -Be @($Found | Sort-Object)

        # Each remedy, applied as written, takes its finding away; followed
        # as findings come, they leave nothing. What the walk could not see,
        # and what the program-files folder itself grants, have no remedy here.
        $fixable = { param($Finding) $Finding.Kind -ne 'NotSeen' -and $Finding.Remedy -notlike 'The program-files folder*' }
        foreach ($finding in @($findings | Where-Object { & $fixable $_ })) {
            Invoke-Remedy $finding.Remedy
            @(Get-Findings | ForEach-Object { Format-Finding $_ }) | Should -Not -Contain (Format-Finding $finding) -Because "the remedy '$($finding.Remedy)'"
        }
        if (@($findings | Where-Object { -not (& $fixable $_) }).Count -eq 0) {
            for ($round = 0; $round -lt 5; $round++) {
                $left = @(Get-Findings)
                if ($left.Count -eq 0) { break }
                foreach ($finding in $left) { Invoke-Remedy $finding.Remedy }
            }
            Get-Findings | Should -BeNullOrEmpty
        }
    }

    It 'gives each finding the remedy that fits where the right comes from: <Case>' -ForEach @(
        @{ Case = 'an inherited grant on Downloads'; Clean = $false; Remedy = "If removing inheritance is your decision: icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' /inheritance:r /c /l (the copied entries stay) (Windows then rewrites everything below it as an administrator, and may follow a link there: only once the audit finds no Link or HardLink)" }
        @{ Case = 'an owner inside'; Clean = $true; Children = @{ 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' = @('C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine') }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Owner $user } }
            Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine' /setowner '*S-1-5-32-544' /c /l; then run the tool: it works out the inherited entries of what lies inside Downloads anew" }
        @{ Case = 'a user''s explicit entry on the folder above'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user 0x40)) } }
            Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent' /remove:g '*S-1-5-21-1-2-3-1001' /c /l (Windows then rewrites everything below it as an administrator, and may follow a link there: only once the audit finds no Link or HardLink)" }
    ) {
        $row = $_
        Set-Machine -Clean:$Clean
        $more = if ($row['Facts']) { & $row.Facts } else { @{} }
        foreach ($path in $more.Keys) { $machine.Facts[$path] = $more[$path] }
        if ($row['Children']) { $machine.Children = $row.Children }
        @(Get-Findings)[0].Remedy | Should -Be $Remedy
    }

    It 'reports a key that refuses full access' {
        Set-Machine -Key 'refused: Requested registry access is not allowed.'
        $found = @(Get-Findings)[0]
        $found.Kind | Should -Be 'Key'
        $found.Why | Should -BeLike 'the agent''s key refuses full access*'
    }

    It 'enters no link, and says when its bounds stopped the walk' {
        Set-Machine -Clean -Facts @{
            "$downloads\link"   = New-Folder "$downloads\link" -IsReparsePoint $true
            "$downloads\a"      = New-Folder "$downloads\a"
            "$downloads\a\b"    = New-Folder "$downloads\a\b"
        } -Children @{ $downloads = @("$downloads\link", "$downloads\a"); "$downloads\a" = @("$downloads\a\b", "$downloads\a\c") }
        $found = @(Get-Findings -MaxItems 3)
        $found.Why | Should -Contain 'not seen: the walk inside Downloads stopped early, after 3 items: what lies beyond was not looked at'
        Should -Invoke Get-ChildPath -Times 0 -ParameterFilter { $Path -like '*\link' }
        Should -Invoke Get-ItemFacts -Times 0 -ParameterFilter { $Path -like '*\link' }
    }

    It 'writes nothing, ever' {
        Mock Set-Acl { return }
        Mock Remove-Item { return }
        Mock New-Item { return }
        Mock Set-Content { return }
        Mock Rename-Item { return }
        Set-Machine -Facts @{ "$downloads\mine" = New-Folder "$downloads\mine" -Owner 'S-1-5-21-1-2-3-1001' -IsReparsePoint $true } -Children @{ $downloads = @("$downloads\mine") }
        Get-Findings | Should -Not -BeNullOrEmpty
        foreach ($writer in 'Set-Acl', 'Remove-Item', 'New-Item', 'Set-Content', 'Rename-Item') {
            Should -Invoke $writer -Times 0
        }
    }
}

Describe 'The -Summary line for Intune Remediations and Configuration Manager' {
    BeforeAll {
        $owned = [pscustomobject]@{ Path = 'C:\D\mine'; Sid = 'S-1-5-21-1-2-3-1001'; Account = 'PC\ann'; Allows = 'write'; Kind = 'Access'
            Why = 'may change this item inside Downloads, which it owns'; Remedy = 'icacls x /setowner' }
        $link = [pscustomobject]@{ Path = 'C:\D\j'; Sid = $null; Account = $null; Allows = ''; Kind = 'Link'; Why = 'a reparse point'; Remedy = 'remove it' }
        $notSeen = [pscustomobject]@{ Path = 'C:\D'; Sid = $null; Account = $null; Allows = ''; Kind = 'NotSeen'; Why = 'not seen: stopped'; Remedy = 'run again' }
        $stock = [pscustomobject]@{ Path = 'C:\D'; Sid = 'S-1-5-32-545'; Account = 'BUILTIN\Users'; Allows = 'write (create files)'; Kind = 'Baseline'
            Why = 'may change Downloads: the stock entry'; Remedy = 'icacls /inheritance:r' }
    }

    It 'is <Line> with status <Status>' -ForEach @(
        @{ Findings = { @() }; Line = 'no exposure that needs action, everything seen'; Status = 0 }
        @{ Findings = { @($stock) }; Status = 0
            Line = 'no exposure that needs action, everything seen; the stock baseline (not counted): BUILTIN\Users may write (create files) on C:\D' }
        @{ Findings = { @($stock) }; IncludeBaseline = $true; Status = 1
            Line = 'needs action: Baseline C:\D: may change Downloads: the stock entry [BUILTIN\Users: write (create files)]. Remedy: icacls /inheritance:r | 1 finding(s) need action (1 Baseline), everything seen; the stock baseline (counted): BUILTIN\Users may write (create files) on C:\D' }
        @{ Findings = { @($stock, $owned, $link, $owned) }; Status = 1
            Line = 'needs action: Access C:\D\mine: may change this item inside Downloads, which it owns [PC\ann: write]. Remedy: icacls x /setowner | 3 finding(s) need action (2 Access, 1 Link), everything seen; the stock baseline (not counted): BUILTIN\Users may write (create files) on C:\D' }
        @{ Findings = { @($link, $notSeen) }; Status = 1
            Line = 'needs action: Link C:\D\j: a reparse point. Remedy: remove it | 2 finding(s) need action (1 Link, 1 NotSeen), not everything seen' }
    ) {
        $verdict = Format-ExposureSummary (& $Findings) -IncludeBaseline:([bool]$_['IncludeBaseline'])
        $verdict.Line | Should -Be $Line
        $verdict.Status | Should -Be $Status
    }

    It 'keeps the line within the 2,048 characters a Remediation shows, the remedy and the counts whole' {
        $long = $owned.PSObject.Copy()
        $long.Why = 'x' * 5000
        $line = (Format-ExposureSummary @($long, $stock)).Line
        $line.Length | Should -BeLessOrEqual 2048
        $line | Should -BeLike '*x... `[PC\ann: write`]. Remedy: icacls x /setowner | 1 finding(s) need action (1 Access), everything seen; the stock baseline*'
    }

    It 'says in one line that the audit failed where it cannot read the machine, with status 1' {
        # PowerShell on Linux has no Windows registry.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')' -Summary; exit `$LASTEXITCODE"
        $run.Status | Should -Be 1
        $run.Out | Should -HaveCount 1
        $run.Out[0] | Should -BeLike 'the audit failed: *'
    }
}
